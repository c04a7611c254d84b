import sys

from pyvorn_device_tools.pva.cli import main

sys.exit(main())
