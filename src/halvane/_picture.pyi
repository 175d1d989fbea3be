from typing import Annotated

import numpy
from numpy.typing import NDArray


def fit(picture: Annotated[NDArray[numpy.uint8], dict(shape=(None, None, 3), order='C', device='cpu', writable=False)], width: int, height: int) -> object: ...

MAX_SIDE: int = 8192
