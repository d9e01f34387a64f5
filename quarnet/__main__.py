import sys

from quarnet.cli import main

sys.exit(main())
