"""`python -m dorvo.quickio`: the same command line as `quickio`."""

import sys

from dorvo._quickio_command import main

sys.exit(main())
