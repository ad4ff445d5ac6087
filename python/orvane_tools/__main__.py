"""python -m orvane_tools: the `orvane` command line."""
import sys

from ._cli import main

sys.exit(main())
