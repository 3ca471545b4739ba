"""rigpanel: the operator's panel of a station PC with several places (fixtures), each a
labgrid environment, listed in a station file (config.py). Per place: the state, the
board's chip and device type, the test and try now running with the time left, and the
verdict with each failed port; every run is stored in the results store with its place,
operator, label serial and versions. Served by waitress on 127.0.0.1 (app.py, guard.py).
"""
