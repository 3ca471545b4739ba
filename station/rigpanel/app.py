"""The panel's web application: the page, its script and the JSON API.

make_app(settings, places, hosts) -> a Flask application (blueprint "panel"):
    GET  /                          the panel (every place, updated by the script)
    GET  /api/places                [{place, state, chip, device_type, progress, step,
                                      seconds_left, failed_ports, operator, serial, reason,
                                      run_id, retest, next, stored}]
    POST /api/places/<place>/start  form: operator, serial (as the station file asks),
                                    retest=1 (the failed board again); 202, or 4xx with the reason
    POST /api/places/<place>/stop   Ctrl-C to the program; 202, or 409 when nothing runs
Every name from a board reaches the page as JSON that the script shows as text.
"""
import os

from flask import Blueprint, Flask, abort, jsonify, render_template, request

from . import guard, places as placelib

MAX_FIELD = 64           # an operator's name or a label's serial
POLL_MS = 1000           # the page asks for the places' state this often


def field(name, required):
    """Returns a form field as one line of printable text; 400 when it is missing or not such."""
    value = request.form.get(name, "").strip()
    if len(value) > MAX_FIELD or not value.isprintable():
        abort(400, f"{name}: up to {MAX_FIELD} printable characters")
    if required and not value:
        abort(400, f"{name} is required")
    return value


def make_app(settings, places, hosts):
    """Returns the panel's application over the given places."""
    here = os.path.dirname(os.path.abspath(__file__))
    app = Flask(__name__, template_folder=os.path.join(here, "templates"),
                static_folder=os.path.join(here, "static"))
    by_name = {p.name: p for p in places}
    bp = Blueprint("panel", __name__)

    def place_or_404(name):
        if name not in by_name:
            abort(404, "no such place")
        return by_name[name]

    @bp.route("/")
    def panel():
        return render_template("panel.html", places=[placelib.view(p) for p in places], settings=settings,
                               poll_ms=POLL_MS)

    @bp.route("/favicon.ico")
    def favicon():
        return "", 204

    @bp.route("/api/places")
    def api_places():
        return jsonify([placelib.view(p) for p in places])

    @bp.route("/api/places/<name>/start", methods=["POST"])
    def api_start(name):
        p = place_or_404(name)
        operator = field("operator", True)
        retest = request.form.get("retest") == "1"
        serial = "" if settings.serial == "none" else field("serial", settings.serial == "required" and not retest)
        why = placelib.begin(p, settings, operator, serial, retest)
        if why is not None:
            return jsonify(error=why), 409
        return jsonify(placelib.view(p)), 202

    @bp.route("/api/places/<name>/stop", methods=["POST"])
    def api_stop(name):
        p = place_or_404(name)
        if not placelib.request_stop(p):
            return jsonify(error="the place is not testing"), 409
        return jsonify(placelib.view(p)), 202

    @app.errorhandler(400)
    @app.errorhandler(403)
    @app.errorhandler(404)
    @app.errorhandler(405)
    def refused(e):
        return jsonify(error=e.description if isinstance(e.description, str) else e.name), e.code

    app.register_blueprint(bp)
    guard.install(app, hosts)
    return app
