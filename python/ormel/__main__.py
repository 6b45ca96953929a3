"""`python -m ormel`: the same as the `ormel` command."""

from ormel.cli import main

raise SystemExit(main())
