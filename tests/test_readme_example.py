"""The embedding example of README.md, run as written."""
import re
from pathlib import Path

import numpy as np

README = Path(__file__).resolve().parents[1] / "README.md"


def run_examples(*names):
    scope, text = {"__name__": "readme_example"}, README.read_text()
    for name in names:
        match = re.search(rf"<!-- {name} -->\s*```python\n(.*?)```", text, re.S)
        assert match, f"README.md lost its {name}"
        exec(compile(match.group(1), str(README), "exec"), scope)
    return scope


def test_readme_example_and_its_edit_history(qapp, capsys):
    scope = run_examples("embedding example", "history example")
    plot, window, curves, undo, redo = (scope[k] for k in ("plot", "window", "curves", "undo", "redo"))
    try:
        assert plot.gCurves is curves and plot.curveLen == 512 and plot.editorType == "liner"
        assert "editor: liner" in capsys.readouterr().out and not undo.isEnabled() and not redo.isEnabled()
        before = curves[0].copy()
        # what a context-menu point command does: the host's slots get the live array and the span
        plot.ctrl_points[0][1][3] += 5
        plot.params_for_ctrl_point_changed_signal = [0, 0, int(plot.ctrl_points[0][0][4]) + 1]
        plot.build_curve(0)
        out = capsys.readouterr().out
        assert "curve 0 changed" in out and "curve 0 columns" in out and np.isfinite(curves[0]).all()
        assert undo.isEnabled() and not np.array_equal(curves[0], before)
        undo.trigger()
        assert np.array_equal(curves[0], before) and plot.gCurves[0] is curves[0]
        assert redo.isEnabled() and not undo.isEnabled() and "curve 0 changed" in capsys.readouterr().out
        redo.trigger()
        assert undo.isEnabled() and not np.array_equal(curves[0], before)
    finally:
        window.close()
        scope["view"].close()


def test_host_saving_example_writes_the_files_it_names(qapp, tmp_path, monkeypatch, capsys):
    import tifffile
    monkeypatch.chdir(tmp_path)
    scope = run_examples("host saving example")
    assert capsys.readouterr().out.strip() == "Successfully saved to export/frame_003_with_curves.tiff"
    volume, curves = scope["volume"], scope["curves"]
    stack = tifffile.imread(tmp_path / "export/stack_with_curves.tiff")
    frame = tifffile.imread(tmp_path / "export/frame_003_with_curves.tiff")
    assert stack.shape == (5, 128, 256, 3) and np.array_equal(frame, stack[3:4])   # one page, kept 4-D
    assert np.array_equal(tifffile.imread(tmp_path / "export/stack.tiff"), volume)
    # each frame has its own curves burnt in (coloured pixels on their rows), the rest stays gray
    for f in (0, 3):
        rows = np.round(curves[0][f][10:-10]).astype(int)
        pixels = stack[f, rows, np.arange(10, 246)].astype(int)
        assert (np.ptp(pixels, axis=1) > 30).mean() > 0.9 and (pixels[:, 0] > pixels[:, 1]).mean() > 0.9
    assert np.array_equal(stack[3, 120, :, 0], volume[3, 120])
