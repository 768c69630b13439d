"""The one exception the command line turns into a one-line message and exit status 2."""


class CommandError(Exception):
    """A problem with the user's input or environment, reported without a traceback."""
