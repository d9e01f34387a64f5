"""The command's error lines: quarnet.user_errors, under the name the command's entry imports."""

from quarnet.user_errors import PROGRAM, error_line  # noqa: F401
