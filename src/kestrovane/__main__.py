import sys

from kestrovane.cli.main import main

sys.exit(main())
