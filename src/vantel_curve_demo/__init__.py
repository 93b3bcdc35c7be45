"""Demo viewer for vantel.utils.curveEditorPlot: ``python -m vantel_curve_demo``."""
from .volume import SyntheticVolume

__all__ = ["SyntheticVolume", "main"]


def main(argv=None):
    from .app import main as _main
    return _main(argv)
