"""One guard for the station's page servers (the dashboard and the operator's panel): the
Host names a server answers to and the security headers of every answer.

served_names(address, extra=()) -> the Host names (without port, lower case) a server on
    address answers: extra, the address itself, on a local address LOCAL_HOSTS, and on
    every address this machine's names. Any other name (one a foreign page rebinds to
    this machine) is refused.
answers(host, names) -> whether a request's Host header is one of names (its port aside).
headers(*sources) -> the headers of every answer: nothing from elsewhere (a
    Content-Security-Policy of "default-src 'none'" with the page's own sources), no
    framing, no type sniffing, no referrer.
"""
import socket

LOCAL_HOSTS = ("localhost", "127.0.0.1", "[::1]")
ALL_ADDRESSES = ("0.0.0.0", "::")  # served on every address: this machine's names answer too
BASE_POLICY = ("default-src 'none'", "base-uri 'none'", "frame-ancestors 'none'")


def host_name(host):
    """Returns the name part of a Host header (without its port), lower case."""
    host = host.lower()
    if host.startswith("["):
        return host[:host.find("]") + 1]
    return host.partition(":")[0]


def served_names(address, extra=()):
    """Returns the set of Host names a server listening on address answers to."""
    names = {host_name(h) for h in extra} | {f"[{address}]" if ":" in address else address}
    if address in LOCAL_HOSTS + ("::1",) + ALL_ADDRESSES:
        names |= set(LOCAL_HOSTS)
    if address in ALL_ADDRESSES:
        names = (names - set(ALL_ADDRESSES) - {"[::]"}) | {socket.gethostname(), socket.getfqdn()}
    return names


def answers(host, names):
    """Returns whether a request's Host header names one of names."""
    return host_name(host) in names


def headers(*sources):
    """Returns the security headers of every answer, the page allowing only sources."""
    return {"Content-Security-Policy": "; ".join(BASE_POLICY + sources),
            "X-Content-Type-Options": "nosniff",
            "X-Frame-Options": "DENY",
            "Referrer-Policy": "no-referrer"}
