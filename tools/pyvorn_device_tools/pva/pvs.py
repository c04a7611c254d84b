"""What every vorn-pva PV shares: creation, change-only posting, and the way a put is answered.

p4p ships no type information, so its objects are typed Any here; the names say what they are."""

import time
from collections.abc import Callable
from typing import Any

from p4p.nt import NTEnum, NTScalar
from p4p.server.raw import SharedPV

from pyvorn_device_tools.pva.worker import DeviceWorker, Job

# Alarm severities of EPICS.
NO_ALARM, MINOR, MAJOR, INVALID = 0, 1, 2, 3


class PutError(Exception):
    """A put that failed: the text is what the client sees."""


def scalar_pv(type_code: str, value: object, description: str,
              handler: object | None = None) -> Any:
    nt = NTScalar(type_code, display=True)
    initial = {"value": value, "display": {"description": description}}
    return SharedPV(handler=handler, nt=nt, initial=initial, timestamp=time.time())


def array_pv(type_code: str, description: str) -> Any:
    nt = NTScalar(type_code, display=True)
    return SharedPV(nt=nt, initial={"value": [], "display": {"description": description}},
                    handler=ReadOnly(), timestamp=time.time())


def enum_pv(choices: list[str], description: str, handler: object) -> Any:
    nt = NTEnum(display=True)
    initial = {"value": {"index": 0, "choices": choices},
               "display": {"description": description}}
    return SharedPV(handler=handler, nt=nt, initial=initial, timestamp=time.time())


class ChangePoster:
    """Posts a PV's value and alarm only when either differs from what was posted last, so
    monitors see changes, not polls. Called from one thread at a time."""

    def __init__(self, pv: Any) -> None:
        self.pv = pv
        self._last: tuple[object, int, str] | None = None

    def show(self, value: object, severity: int = NO_ALARM, message: str = "") -> None:
        state = (value, severity, message)
        if state == self._last:
            return
        self._last = state
        self.pv.post(value, severity=severity, message=message, timestamp=time.time())

    def alarm(self, severity: int, message: str, default: object) -> None:
        """The last value shown (or `default`), under an alarm: a failed read keeps the value."""
        self.show(default if self._last is None else self._last[0], severity, message)


class ReadOnly:
    """The handler of a PV no client may write."""

    def put(self, pv: Any, op: Any) -> None:
        op.done(error="read-only PV")


class PutGate:
    """Answers every put of the bridge: refused at once (--read-only, a read-only PV), or run on
    the device thread, whose answer (done or the PutError's text) goes back to the client.
    Called on p4p's threads; never blocks."""

    def __init__(self, worker: DeviceWorker, read_only: bool) -> None:
        self.worker = worker
        self.read_only = read_only

    def handler(self, write: Callable[[Any], None] | None) -> object:
        """A SharedPV handler that passes each put's value to `write`, or refuses it if None."""
        gate = self

        class Handler:
            def put(self, pv: Any, op: Any) -> None:
                gate.answer(op, write)

        return Handler()

    def answer(self, op: Any, write: Callable[[Any], None] | None) -> None:
        if self.read_only:
            op.done(error="read-only: vorn-pva was started with --read-only")
            return
        if write is None:
            op.done(error="read-only PV")
            return
        value = op.value()

        def run() -> None:
            try:
                write(value)
            except PutError as e:
                op.done(error=str(e))
            except Exception as e:
                op.done(error=f"vorn-pva: {type(e).__name__}: {e}")
                raise
            else:
                op.done()

        if not self.worker.submit(Job(run, lambda why: op.done(error=why))):
            op.done(error="busy: too many puts waiting for the device, or shutting down")
