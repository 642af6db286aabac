"""``python -m corvane``: the ``corvane`` command."""

from corvane.cli import main

raise SystemExit(main())
