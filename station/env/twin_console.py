# The console of the board's twin (env/twin.yaml): the emulator's UART1 on a
# local TCP socket, read like any serial console; activating it switches the
# emulator on (labgrid's QEMUDriver) and deactivating it switches it off.
import attr

from labgrid.driver import SerialDriver
from labgrid.factory import target_factory


@target_factory.reg_driver
@attr.s(eq=False)
class TwinConsoleDriver(SerialDriver):
    """A SerialDriver on the twin's console that powers the twin around its use."""

    bindings = {"port": "NetworkSerialPort", "power": "QEMUDriver"}

    def on_activate(self):
        self.power.on()
        super().on_activate()

    def on_deactivate(self):
        super().on_deactivate()
        self.power.off()
