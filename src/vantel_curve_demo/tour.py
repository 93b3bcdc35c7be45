"""The steps of the scripted session, in the order they run.

Adding a step: write `def my_step(session) -> str` in the feature's own module (raise
session.StepFailed when the feature does not do what it should) and add one Step line here.
"""
from __future__ import annotations

from . import carry_actions, checks, exports, gestures, journal_keeper, review_panel
from .session import Step

STEPS = [
    Step(lambda s: "anchors: drag control points onto the layer edge" if s.synthetic
         else "anchors: drag a control point", gestures.anchors, edits=True),
    Step(lambda s: "liner: redraw a slipped curve as a polyline" if s.synthetic
         else "liner: redraw a stretch as a polyline", gestures.liner, edits=True),
    Step("live-wire: trace a layer edge", gestures.livewire, edits=True),
    Step("context menu: addPoint, then removePoint", gestures.context_menu, edits=True),
    Step("undo and redo every gesture", checks.undo_redo, edits=True),
    Step("frame change keeps the edits", checks.frame_round_trip, edits=True),
    Step("review: correct the top suspect, and it leaves the list", review_panel.tour_step),
    Step("carry a correction through a slip over several frames (Ctrl+])", carry_actions.tour_step, edits=True),
    Step("journal: every correction so far replays onto the file as read", journal_keeper.tour_replays),
    Step("save the frame with curves", exports.save_frame),
    Step("save the stack with curves", exports.save_stack),
    Step("save the corrected layers (.eye, .npz) and read them back", checks.save_layers),
    Step("journal: the save leaves nothing to recover", journal_keeper.tour_cleared),
    Step("screenshot", exports.screenshot),
    Step("theme switch rebuilds the plot", checks.theme_switch),
]
