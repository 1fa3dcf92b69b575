import sys

from kestrovane.selection_core.cli import main

sys.exit(main())
