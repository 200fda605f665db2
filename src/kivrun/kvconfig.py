"""Host configuration read by the assembly core.

``tjm_models`` maps a kernel name to ``(A_list, B_list, P_list)``: complex
amplitudes, second amplitudes and poles of a fitted tunnel-junction kernel
(at most 20 terms each, all three lists of one length).
"""

tjm_models: dict = {}
