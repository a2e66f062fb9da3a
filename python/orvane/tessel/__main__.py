"""python -m orvane.tessel: the tessel command."""
import sys

from orvane.tessel.cli import main

sys.exit(main())
