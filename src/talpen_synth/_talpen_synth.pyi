"""The native module (`talpen_synth._talpen_synth`)."""

from typing import Final, final

__version__: Final[str]
__all__ = ["__version__", "Synth"]

@final
class Synth:
    """A synth driven by JSON commands.

    `unsendable`: the handle holds a stateful generator, so it is bound to the
    thread that created it.
    """

    def __new__(cls, spec_json: str) -> Synth:
        """Create a handle from a spec JSON text.

        Empty text (or only white space) or ``{}`` makes a handle without a
        spec. Raises ValueError ("parse: ..." or "bad spec: ...") for a spec
        that cannot be read or breaks a rule.
        """

    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON."""

    @staticmethod
    def version() -> str:
        """The library version."""
