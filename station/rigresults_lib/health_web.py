"""The dashboard's pages of the control charts and the replay board files.

page_values(conn, cached, place, port) -> the values of /health?place=&port= (the charts
    of a place and port, and the alarms)
board_answer(conn, run_id) -> the answer of /run/board?id= (the board file that replays a run)
overview_alarms(conn, cached) -> the alarms the overview lists
"""
import json

from flask import Response

from . import health, parse, replay

CHART_W = 640      # a control chart's plot area, px
CHART_H = 160
CHART_LEFT = 52    # room for the percent axis
CHART_BOTTOM = 30  # room for the day labels
CHART_TOP = 10
MAX_DAY_LABELS = 8


def chart_geometry(c):
    """Returns one chart's geometry: the polyline of its points, the limit's steps, the
    line's rate, and the points that broke a rule."""
    pts = c["points"]
    top = max([p["rate"] for p in pts] + [p["limit"] for p in pts] + [c["line_rate"], 0.01])
    slot = CHART_W / max(1, len(pts))
    bottom = CHART_TOP + CHART_H
    every = max(1, -(-len(pts) // MAX_DAY_LABELS))

    def y(v):
        return round(bottom - CHART_H * v / top, 1)

    marks, limit, line = [], [], []
    for i, p in enumerate(pts):
        x = round(CHART_LEFT + slot * (i + 0.5), 1)
        line.append(f"{x},{y(p['rate'])}")
        limit += [f"{round(CHART_LEFT + slot * i, 1)},{y(p['limit'])}",
                  f"{round(CHART_LEFT + slot * (i + 1), 1)},{y(p['limit'])}"]
        marks.append({"x": x, "y": y(p["rate"]), "day": p["day"], "n": p["n"], "k": p["x"],
                      "rules": ", ".join(p["rules"]), "label": i % every == 0})
    return {"width": CHART_LEFT + CHART_W + 10, "height": bottom + CHART_BOTTOM, "left": CHART_LEFT,
            "right": CHART_LEFT + CHART_W, "bottom": bottom, "center": y(c["line_rate"]),
            "top_label": f"{100 * top:.1f}%", "line": " ".join(line), "limit": " ".join(limit),
            "marks": marks, "title": f"{c['place']} {c['port']}: boards {c['chart']}",
            "line_rate": f"{100 * c['line_rate']:.2f}%"}


def overview_alarms(conn, cached):
    """Returns the alarms of every place and port (computed again as the store changes)."""
    return cached(conn, "health", health.alarms)


def page_values(conn, cached, place, port):
    """Returns the values of the control chart page of place and port (either None: all)."""
    alarms = [a for a in overview_alarms(conn, cached) if place in (None, a["place"]) and
              port in (None, a["port"])]
    shown = health.charts(conn, place, port) if place and port else []
    return {"place": place, "port": port, "alarms": alarms, "charts": [chart_geometry(c) for c in shown]}


def board_answer(conn, run_id):
    """Returns the answer that downloads the board file replaying run run_id (404 when none)."""
    try:
        board, notes = replay.replay_run(conn, run_id)
    except parse.Refused as e:
        return Response(f"no board file: {e}\n", status=404, mimetype="text/plain")
    if notes:
        board["_not_exact"] = [f"{port}: {why}" for port, why in notes]
    return Response(json.dumps(board, indent=1, ensure_ascii=False) + "\n", mimetype="application/json",
                    headers={"Content-Disposition": f"attachment; filename=replay-run-{run_id}.json"})
