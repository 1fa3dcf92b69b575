# Kept so that `python -m kestrovane.selection_core` goes on working.
import sys

from kestrovane.cli.main import main

sys.exit(main())
