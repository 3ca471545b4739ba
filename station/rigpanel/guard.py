"""The panel's guard: the dashboard's rule of the Host names answered and its security
headers (rigresults_lib.guard), and the Origin of a change.

install(app, hosts): answers only requests whose Host header is one of hosts (see
    host_names; 400 otherwise, so a name that a foreign page rebinds to this machine
    reaches nothing); refuses a POST from another page's origin (403); adds the
    headers below to every answer.
"""
from flask import abort, request

from rigresults_lib import guard

# Nothing from elsewhere: scripts, styles, images and requests only from the panel itself.
HEADERS = dict(guard.headers("script-src 'self'", "style-src 'self'", "img-src 'self'",
                             "connect-src 'self'", "form-action 'self'"),
               **{"Cache-Control": "no-store"})
CROSS_SITE = ("cross-site", "same-site")   # Sec-Fetch-Site values of another page's request


def host_names(host):
    """Returns the Host names the panel served on the address host answers to (the
    dashboard's rule: a name's port aside, a rebound name reaching this port all the same)."""
    return guard.served_names(host)


def install(app, hosts):
    """Guards every request of app (see the module's text)."""

    @app.before_request
    def check():
        """Refuses a request for another host, or another page's change."""
        if not guard.answers(request.host, hosts):
            abort(400, "unknown host")
        if request.method == "POST":
            origin = request.headers.get("Origin")
            if origin is not None and origin != f"http://{request.host}":
                abort(403, "another page's request")
            if request.headers.get("Sec-Fetch-Site") in CROSS_SITE:
                abort(403, "another page's request")

    @app.after_request
    def headers(response):
        """Returns the answer with the security headers."""
        response.headers.update(HEADERS)
        return response
