"""``python -m quillet``: the same command as ``quillet``."""

from .cli import main

raise SystemExit(main())
