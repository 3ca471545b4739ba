"""The panel's guard: the Host it answers to, the Origin of a change, and the
security headers of every answer.

install(app, hosts): answers only requests whose Host header is one of hosts
    ("127.0.0.1:8000", ...; 400 otherwise, so a name that a foreign page rebinds
    to this machine reaches nothing); refuses a POST from another page's origin
    (403); adds the headers below to every answer.
"""
from flask import abort, request

HEADERS = {
    # Nothing from elsewhere: scripts, styles, images and requests only from the panel itself.
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                               "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}
CROSS_SITE = ("cross-site", "same-site")   # Sec-Fetch-Site values of another page's request


LOOPBACK = ("127.0.0.1", "localhost")


def host_names(host, port):
    """Returns the Host header values the panel served on host:port answers to."""
    names = {host} | (set(LOOPBACK) if host in LOOPBACK else set())
    return {f"{n}:{port}" for n in names}


def install(app, hosts):
    """Guards every request of app (see the module's text)."""

    @app.before_request
    def check():
        """Refuses a request for another host, or another page's change."""
        if request.host not in hosts:
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
