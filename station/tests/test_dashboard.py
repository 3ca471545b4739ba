# The dashboard in a real browser (headless Chromium driven by Selenium): the
# path an engineer takes from the Pareto's tallest bar to the boards that port
# failed on, to one board's history, to its run's kept log with the failed
# lines marked. Names from the files (a host name with tags, quotes and an
# escape character, a station named like markup) show as text, and the page
# loads nothing from anywhere else. Screenshots go to RIGRESULTS_SHOTS (a
# folder) when it is set, else to pytest's temporary folder.
import datetime
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

STATION_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, STATION_DIR)
from rigresults_lib import importer, parse, store, synth, web  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SERVER_WAIT_S = 30
HOSTILE_HOST = 'ZR"<b>bold</b>\x1b[31m'
HOSTILE_STATION = 'ST-<i>x</i>"'
BAD_PORT = "RS232-1"          # fails on three boards in a row at ST-C, passes elsewhere
HARD = ("RS485", "RS485-2")   # a board whose RS485-2 never succeeds, first run and retest
INTERMITTENT = ("RS485", "RS485-1")
FUTURE = "9999-12-31 23:59:59"
ABORTED_CHIP = "0x55000000"   # its board reset before the result line, alone on ST-B that day


def tallies(tries, failing=()):
    """Returns a 2 RS485, 2 RS232, 1 DO, 2 DI board's tallies; failing: (kind, port, successes)."""
    bad = {(k, p): s for k, p, s in failing}
    rows = []
    for kind, names, tests in (("RS485", ["RS485-1", "RS485-2"], [""]), ("RS232", ["RS232-1", "RS232-2"], [""]),
                               ("DO", ["DO-1"], ["NO", "NC"]), ("DI", ["DI-1", "DI-2"], ["NO", "NC"])):
        for test in tests:
            for name in names:
                s = bad.get((kind, name), tries)
                rows.append({"kind": kind, "port": name, "test": test, "successes": s, "errors": tries - s})
    return rows


def day(n):
    """Returns the n-th of the batch's three days, the third being today."""
    return (datetime.date.today() - datetime.timedelta(days=3 - n)).isoformat()


def batch():
    """Returns the test's runs: (station, fixture, chip, host, start, tallies, tries)."""
    runs = []
    for i in range(6):   # sound boards at ST-A and ST-B
        runs.append(("ST-A" if i % 2 else "ST-B", "fx-1", f"0x5100000{i}", "ZR-A7-T100",
                     f"{day(1 + i % 3)} 09:0{i}:00", tallies(3), 3))
    for i in range(3):   # ST-C's RS232 cable: the same port fails on board after board
        runs.append(("ST-C", "fx-9", f"0x5200000{i}", "ZR-A7-T100", f"{day(3)} 10:0{i}:00",
                     tallies(3, [("RS232", BAD_PORT, 0)]), 3))
    runs.append(("ST-A", "fx-1", "0x53000000", HOSTILE_HOST, f"{day(3)} 11:00:00",
                 tallies(3, [HARD + (0,)]), 3))
    runs.append(("ST-B", "fx-1", "0x53000000", HOSTILE_HOST, f"{day(3)} 11:30:00",
                 tallies(3, [HARD + (0,)]), 3))
    runs.append((HOSTILE_STATION, "fx-1", "0x54000000", "ZR-A7-T100", f"{day(3)} 12:00:00",
                 tallies(3, [INTERMITTENT + (2,)]), 3))
    return runs


def free_port():
    """Returns a TCP port free on 127.0.0.1 at the moment."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def filled(tmp_path_factory):
    """Imports the batch into a fresh store, beside a run dated far in the future (as a
    board with a wrong clock may have written it) and an aborted run; returns the store's URL."""
    tmp = tmp_path_factory.mktemp("dashboard")
    url = f"sqlite:///{tmp}/results.db"
    engine = store.open_db(url)
    for n, (station, fixture, chip, host, start, ports, tries) in enumerate(batch()):
        folder = tmp / "results" / f"{n:02d}" / fixture
        folder.mkdir(parents=True)
        (folder / "rigChkEx-kept.log").write_bytes(synth.kept_log(chip, host, start, ports, tries))
        (folder / "rigChkEx.js").write_bytes(synth.report(host, start, ports))
        new, _, refused = importer.import_paths(engine, [str(folder)], station, progress=False)
        assert (new, refused) == (1, []), f"run {n} not stored: {refused}"
    cut = synth.kept_log(ABORTED_CHIP, "ZR-A7-T100", f"{day(3)} 12:30:00", tallies(3), 3).splitlines(True)[:-1]
    folder = tmp / "results" / "aborted" / "fx-1"
    folder.mkdir(parents=True)
    (folder / "rigChkEx-kept.log").write_bytes(b"".join(cut))
    assert importer.import_paths(engine, [str(folder)], "ST-B", progress=False)[:3:2] == (1, [])
    today = parse.parse_kept_log(synth.kept_log("0x5F000000", "ZR-A7-T100", f"{day(3)} 13:00:00",
                                                tallies(3), 3))
    future = dict(today, start_time=FUTURE, station="ST-A", fixture="fx-1")  # as another store held it
    assert store.store_runs(engine, [future]) == (1, 0)
    engine.dispose()
    return url


@pytest.fixture(scope="module")
def dashboard(filled):
    """Serves the filled store with `rigresults serve`; yields the base URL."""
    url = filled
    port = free_port()
    server = subprocess.Popen([sys.executable, os.path.join(STATION_DIR, "rigresults"), "--db", url,
                               "serve", "--port", str(port)], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + SERVER_WAIT_S
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert server.poll() is None, "rigresults serve ended"
            time.sleep(0.1)
    yield f"http://127.0.0.1:{port}"
    server.terminate()
    server.wait()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1200,1400",
                 f"--user-data-dir={tmp_path_factory.mktemp('chromium-profile')}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def shot(driver, tmp_path, name):
    """Saves a screenshot of the whole page (PNG)."""
    folder = os.environ.get("RIGRESULTS_SHOTS") or str(tmp_path)
    os.makedirs(folder, exist_ok=True)
    height = driver.execute_script("return document.body.scrollHeight")
    driver.set_window_size(1200, max(800, min(height + 100, 4000)))
    assert driver.save_screenshot(os.path.join(folder, name + ".png"))


def test_pareto_to_failing_units_to_marked_log(dashboard, browser, tmp_path):
    browser.get(dashboard + "/")
    shot(browser, tmp_path, "1-overview")
    assert "The line at a glance" in browser.title + browser.page_source
    # The Pareto's tallest bar is the fixture's port, and that place is suspected.
    bars = {b.text.split("\n")[0]: b for b in browser.find_elements(By.CSS_SELECTOR, "svg a.pareto-bar")}
    assert list(bars)[0] == BAD_PORT and set(bars) == {BAD_PORT, HARD[1], INTERMITTENT[1]}
    suspects = browser.find_element(By.CSS_SELECTOR, "table.fixtures").text
    assert "ST-C fx-9 RS232-1 3 3" in suspects
    # The chart's first-pass and final yield: 12 units (one retested, failing again).
    assert len(browser.find_elements(By.CSS_SELECTOR, "svg rect.first")) == 3
    assert "RS485-1 2/3" in browser.find_element(By.CSS_SELECTOR, "table.failures").text

    bars[HARD[1]].click()
    shot(browser, tmp_path, "2-port")
    rows = browser.find_elements(By.CSS_SELECTOR, "table.failures tr")[1:]
    assert [r.text.count("RS485-2 0/3") for r in rows] == [1, 1]
    rows[0].find_element(By.LINK_TEXT, "0x53000000").click()

    shot(browser, tmp_path, "3-unit")
    history = browser.find_elements(By.CSS_SELECTOR, "table.runs tr")[1:]
    assert [r.find_element(By.CSS_SELECTOR, "td:nth-child(5)").text for r in history] == ["fail", "fail"]
    # The host name shows as the text it is: no element made of it, the escape visible.
    assert 'ZR"<b>bold</b>\\x1b[31m' in history[0].text
    assert not browser.find_elements(By.CSS_SELECTOR, "main b")
    history[0].find_element(By.LINK_TEXT, "log").click()

    shot(browser, tmp_path, "4-run")
    marked = [e.text for e in browser.find_elements(By.CSS_SELECTOR, "pre.log span.failed")]
    assert [m.split("] ", 1)[1].split()[0] for m in marked] == ["RS485-2:Test", "iTestSta:-1"]
    assert "RS485-2:Test Succ Cnt 0,Error Cnt 3" in marked[0]
    assert "RS485-1:Test Succ Cnt 3,Error Cnt 0" in browser.find_element(By.CSS_SELECTOR, "pre.log").text

    # The station named like markup has its page, and nothing came from elsewhere.
    browser.find_element(By.LINK_TEXT, "ST-A").click()
    browser.get(dashboard + "/")
    browser.find_element(By.LINK_TEXT, HOSTILE_STATION).click()
    shot(browser, tmp_path, "5-station")
    assert browser.find_element(By.TAG_NAME, "h1").text == f"Station {HOSTILE_STATION}"
    assert not browser.find_elements(By.CSS_SELECTOR, "main i")
    loaded = browser.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
    assert all(u.startswith(dashboard + "/") for u in loaded), loaded


# (request, status): every parameter out of range is refused as such, never a 500.
REQUESTS = [
    ("/", 200), ("/?days=1", 200), ("/?days=800000", 400), ("/?days=-1", 400), ("/?days=x", 400),
    ("/run?id=1", 200), ("/run?id=2147483648", 400), ("/run?id=9223372036854775808", 400),
    ("/run?id=" + "9" * 5000, 400), ("/run?id=\u0663", 400), ("/run?id=99999", 404),
    ("/station?name=ST-A", 200), ("/station?name=ST-A&before=0", 400),
    ("/station?name=" + "x" * 5000, 400), ("/station?name=%00", 400), ("/station?name=nowhere", 404),
    ("/port?kind=RS485&port=RS485-2&before=18446744073709551616", 400),
    ("/unit?chip=0x53000000", 200), ("/unit?chip=0x5300000a", 404), ("/static/style.css", 200),
]


def test_every_answer_is_guarded_and_every_bad_parameter_refused(filled, dashboard):
    client = web.create_app(filled).test_client()
    for path, status in REQUESTS:
        answer = client.get(path)
        assert answer.status_code == status, (path, answer.status_code)
        assert "default-src 'none'" in answer.headers["Content-Security-Policy"], path
        assert answer.headers["X-Content-Type-Options"] == "nosniff"
        assert answer.headers["X-Frame-Options"] == "DENY"
    # The run dated far in the future leaves today's window as it is, and is named.
    page = client.get("/").get_data(as_text=True)
    assert page.count("<rect class=\"first\"") == 3 and "9999-12-31" in page
    # The aborted run is a unit of ST-B's day that did not pass, and it is named as aborted.
    rows = [[re.sub(r"<[^>]*>", "", c) for c in re.findall(r"<td[^>]*>(.*?)</td>", row, re.S)]
            for row in re.findall(r"<tr>(.*?)</tr>", page, re.S)]
    assert [day(3), "ST-B", "ZR-A7-T100", "2", "50.0% (1)", "50.0% (1)", "0", "1"] in rows, rows
    assert "1 runs aborted without a result" in page
    unit = client.get(f"/unit?chip={ABORTED_CHIP}").get_data(as_text=True)
    assert "first-pass aborted, last run aborted" in unit
    # A Host name the server does not serve (DNS rebinding) is refused, on the real server too.
    assert client.get("/", headers={"Host": "evil.example"}).status_code == 400
    host, port = dashboard.split("//")[1].split(":")
    for name, status in (("evil.example", 400), (f"localhost:{port}", 200)):
        conn = http.client.HTTPConnection(host, int(port), timeout=SERVER_WAIT_S)
        conn.request("GET", "/", headers={"Host": name})
        assert conn.getresponse().status == status, name
        conn.close()


def test_a_store_gone_while_serving_is_a_503_never_a_new_store(filled, tmp_path):
    path = tmp_path / "copy.db"
    shutil.copy(filled.split(":///", 1)[1], path)
    client = web.create_app(f"sqlite:///{path}").test_client()
    assert client.get("/").status_code == 200
    path.unlink()
    answer = client.get("/station?name=ST-A")
    assert answer.status_code == 503 and "gone" in answer.get_data(as_text=True)
    assert not path.exists()
    with pytest.raises(FileNotFoundError):
        web.create_app(f"sqlite:///{path}")
    assert not path.exists()
