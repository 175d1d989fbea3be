"""The zephan-2 model family: its host program lives in ``_tessel_host``."""
