"""The `tesvorn` command: read, change and check YAML files from the shell.

An edit changes the lines of the value it edits and leaves every other byte
of the file as it was. Built on the public API of the tesvorn module only.

Exit codes: 0 done, 1 the path is not there or an input does not parse (or
a file cannot be read or written), 2 the command line is wrong. An error is
one line on stderr, and nothing is written when there is one.
"""

from .commands import main

__all__ = ["main"]
