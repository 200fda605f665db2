"""Host configuration read by the assembly core.

``tjm_models`` maps a kernel name to ``(A_list, B_list, P_list)``: complex
amplitudes, second amplitudes and poles of a fitted tunnel-junction kernel
(at most 20 terms each, all three lists of one length).  It starts with the
kernels shipped in ``kivrun.tjm_kernels`` (``bcs_t0``, ``nb_4k2``; see
docs/tjm_kernels.md); more can be added at run time.
"""
from .tjm_kernels import TJM_MODELS as _SHIPPED_TJM_MODELS

tjm_models: dict = dict(_SHIPPED_TJM_MODELS)
