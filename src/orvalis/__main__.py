"""``python -m orvalis``: the command line (see ``orvalis.cli``)."""

import sys

from orvalis.cli import main

sys.exit(main())
