"""The fit behind `quillfen fit`: batches folded straight into the streaming core.

The command line's batches are plain NumPy arrays read from columns it chose, so the checks the
estimator applies to plain arrays are all they need; going around the estimator spares the
command the start-up of scikit-learn, SciPy and pandas. The model file written is the one the
estimator's `save` writes after the same `partial_fit` calls.
"""

from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

from quillfen._parameters import HUBER_PARAMETERS, defaults, first_refusal
from quillfen._persistence import save
from quillfen._state import StreamState
from quillfen._stream import HuberStream, check_plain_batch, checked_weights
from quillfen.cli._batch_stream import NumericBatch
from quillfen.cli._command_error import CommandError

# The estimator whose parameters these are, as messages and the saved file name it.
OWNER = "StreamingHuberRegressor"


class StreamFit:
    """A new stream fitted with the estimator's defaults updated by `given` parameters.

    Raises CommandError naming the first parameter whose value the estimator refuses.
    """

    def __init__(self, given: Mapping[str, Any]) -> None:
        params = {**defaults(HUBER_PARAMETERS), **given}
        refusal = first_refusal(HUBER_PARAMETERS, params, OWNER)
        if refusal is not None:
            raise CommandError(refusal)
        self.params = params
        self._stream = HuberStream()

    @property
    def state(self) -> StreamState | None:
        """The state after the batches folded so far; None before the first."""
        return self._stream.state

    def fold(self, batch: NumericBatch) -> tuple[StreamState, str | None]:
        """Fold `batch` (with a target and at least one row) in, as `partial_fit` would: the new
        state, and the text of the batch's convergence warning (None when it converged).

        Raises CommandError naming the batch's first bad row (or its rows, and the reason) when
        the batch is refused; the stream is then as it was, as after any exception.
        """
        stream = self._stream
        previous = stream.state
        X, y = batch.features, batch.target
        if y is None:
            raise ValueError("a batch to fit needs its target")
        try:
            if previous is None:
                # The first batch's pilot fit runs before the engine's check of finite values.
                bad_row = batch.first_bad_row()
                if bad_row is not None:
                    raise CommandError(bad_row)
            n_features = X.shape[1] if previous is None else previous.n_features_in
            check_plain_batch(X, y, n_features, OWNER)
            weights = checked_weights(batch.sample_weight, X.shape[0])
            state, note = stream.fold(X, y, weights, self.params)
            stream.state = state
        except ValueError as error:
            stream.undo(previous)
            raise CommandError(
                batch.first_bad_row() or f"{batch.rows_described()}: {error}"
            ) from None
        except BaseException:
            stream.undo(previous)
            raise
        return state, note

    def name_features(self, names: list[str]) -> StreamState:
        """Record `names` as the feature names (the batches are plain arrays of those columns, in
        this order) and return the state; call after the first batch."""
        stream = self._stream
        if stream.state is None:
            raise RuntimeError("no batch was folded in")
        stream.state = stream.state.with_feature_names(np.asarray(names, dtype=object))
        return stream.state

    def save(self, path: Path) -> None:
        """Write the model file of the stream so far to `path`, as the estimator saves it."""
        if self._stream.state is None:
            raise RuntimeError("no batch was folded in")
        save(self._stream.state, self.params, path)
