from collections.abc import Iterable

import numpy
import numpy.typing

def carry(
    frames: numpy.typing.ArrayLike,
    curves: numpy.typing.ArrayLike,
    source: int,
    targets: Iterable[int],
    start: int,
    stop: int,
    band: int = 8,
) -> list[numpy.ndarray]:
    """Carries the corrected columns [start, stop) of one layer's curve in frame `source` into
    the frames `targets`, in the order given, each from the result of the one before.

    Returns one new float64 curve per target: the target's own values outside the span; inside,
    the edge the source curve lies on, followed within `band` rows of the previous frame's
    result, meeting the target's own values at both ends of the span where they are known.
    Where the target's own curve already lies on the edge found, it is kept.
    """
