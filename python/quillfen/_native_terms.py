"""The native batch terms: a batch's Huber sums at given coefficients, and the design fill."""

from _quillfen_native_terms import WorkerPool, batch_terms, fill_design

__all__ = ["WorkerPool", "batch_terms", "fill_design"]
