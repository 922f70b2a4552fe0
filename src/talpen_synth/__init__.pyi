from ._talpen_synth import Synth as Synth, __version__ as __version__

__all__: list[str]
