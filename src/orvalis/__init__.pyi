from orvalis import brevant as brevant
from orvalis.orvalis import frozen_statistics as frozen_statistics
from orvalis.orvalis import load_dataset as load_dataset
from orvalis.orvalis import marqolin as marqolin

__version__: str
__all__ = ["marqolin", "load_dataset", "frozen_statistics", "brevant"]

def __dir__() -> list[str]: ...
