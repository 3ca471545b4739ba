# The dashboard's charts as plain geometry: the server draws them as SVG
# (templates/charts.html), so the page loads nothing from anywhere else.
# Every text stays a plain string here; the template escapes it.

BAR_H = 22          # one Pareto bar's height, px
BAR_GAP = 6         # space between two bars
LABEL_W = 150       # room for the port's name left of the bars
BAR_W = 420         # the longest bar
COUNT_W = 60        # room for the count right of a bar

YIELD_W = 640       # the yield chart's plot area
YIELD_H = 200
YIELD_LEFT = 44     # room for the percent axis
YIELD_BOTTOM = 40   # room for the day labels
YIELD_TOP = 20      # room above a full bar for its percent
YIELD_MAX_BAR = 28  # a day's bar at most this wide, however few days
PERCENT_TICKS = (0, 25, 50, 75, 100)
MAX_DAY_LABELS = 10  # days labelled on the axis; the others only drawn
MAX_VALUE_DAYS = 7   # up to this many days, each bar carries its percent


def pareto_bars(rows):
    """Returns the Pareto chart's geometry: width, height and one bar per row
    (label, count, link, y, width); rows are (label, count, link) triples."""
    top = max((count for _, count, _ in rows), default=0) or 1
    bars = []
    for i, (label, count, href) in enumerate(rows):
        bars.append({
            "label": label, "count": count, "href": href,
            "y": i * (BAR_H + BAR_GAP), "w": max(1, round(BAR_W * count / top)),
        })
    return {"width": LABEL_W + BAR_W + COUNT_W, "height": max(1, len(rows) * (BAR_H + BAR_GAP)),
            "label_w": LABEL_W, "bar_h": BAR_H, "bars": bars}


def yield_bars(days):
    """Returns the yield chart's geometry from (day, first-pass %, final %)
    rows in day order: per day a first-pass and a final bar, and the axes."""
    n = len(days)
    slot = YIELD_W / max(1, n)
    bar = min(YIELD_MAX_BAR, slot / 2.5)
    bottom = YIELD_TOP + YIELD_H
    label_every = max(1, -(-n // MAX_DAY_LABELS))

    def top(percent):
        return round(bottom - YIELD_H * percent / 100, 1)

    groups = []
    for i, (day, first, final) in enumerate(days):
        mid = YIELD_LEFT + slot * (i + 0.5)
        groups.append({"day": day, "first": first, "final": final, "mid": round(mid, 1),
                       "x_first": round(mid - bar, 1), "x_final": round(mid, 1),
                       "y_first": top(first), "y_final": top(final),
                       "label": i % label_every == 0 or i == n - 1})
    return {"width": YIELD_LEFT + YIELD_W + 10, "height": bottom + YIELD_BOTTOM,
            "left": YIELD_LEFT, "right": YIELD_LEFT + YIELD_W, "bottom": bottom,
            "bar_w": round(bar, 1), "groups": groups, "values": n <= MAX_VALUE_DAYS,
            "ticks": [{"label": t, "y": top(t)} for t in PERCENT_TICKS]}
