"""The embedding example of README.md, run as written."""
import re
from pathlib import Path

import numpy as np

README = Path(__file__).resolve().parents[1] / "README.md"


def _example():
    text = README.read_text()
    match = re.search(r"<!-- embedding example -->\s*```python\n(.*?)```", text, re.S)
    assert match, "README.md lost its embedding example"
    return match.group(1)


def test_readme_example_runs_and_wires_the_signals(qapp, capsys):
    scope = {"__name__": "readme_example"}
    exec(compile(_example(), str(README), "exec"), scope)
    plot, window, curves = scope["plot"], scope["window"], scope["curves"]
    try:
        assert plot.gCurves is curves and plot.curveLen == 512
        assert plot.editorType == "liner"
        assert "editor: liner" in capsys.readouterr().out
        # a curve edit reaches the host's slots with the live array and the span
        plot.ctrl_points[0][1][3] += 5
        plot.params_for_ctrl_point_changed_signal = [0, int(plot.ctrl_points[0][0][2]),
                                                     int(plot.ctrl_points[0][0][4]) + 1]
        plot.build_curve(0)
        out = capsys.readouterr().out
        assert "curve 0 changed" in out and "curve 0 columns" in out
        assert np.isfinite(curves[0]).all()
    finally:
        window.close()
        scope["view"].close()
