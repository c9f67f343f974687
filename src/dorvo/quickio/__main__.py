"""`python -m dorvo.quickio`: the same command line as `quickio`."""
import sys

from .cli import main

sys.exit(main())
