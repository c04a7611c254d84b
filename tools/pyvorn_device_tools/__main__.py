import sys

from pyvorn_device_tools.cli import main

sys.exit(main())
