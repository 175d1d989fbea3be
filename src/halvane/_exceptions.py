"""The live interface's errors."""


class HalvaneError(Exception):
    """Base of the live interface's errors."""


class ModelLoadError(HalvaneError):
    """A model could not be loaded."""


class ModelNotFoundError(ModelLoadError):
    """No model file or directory exists at the given path."""


class RuntimeNotReadyError(HalvaneError):
    """The operation needs a loaded model."""
