"""The path that pads dynamic circuits, for tests that hold the native path against the
Python reference: with `use_native(monkeypatch, False)`, every dynamic circuit that a test
pads (by ``pad()`` or the pass) goes the Python way."""
import vornak.qiskit.dynamic as dynamic

_PAD_NATIVE = dynamic.pad_native


def use_native(monkeypatch, native: bool) -> None:
    monkeypatch.setattr(dynamic, "pad_native", _PAD_NATIVE if native else (lambda *args: None))


def native_path_on() -> bool:
    """Whether dynamic circuits may be padded natively (not turned off by `use_native`)."""
    return dynamic.pad_native is _PAD_NATIVE
