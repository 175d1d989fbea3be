"""The zephan-2 model family: its host program lives in ``_tessel_host``, the
parent side of the program's render-stream protocol in ``client``, and the host's
base-verification policy in ``shared_enc_dep``."""
