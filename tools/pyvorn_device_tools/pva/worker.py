"""The one thread that talks to the device for vorn-pva: puts and periodic polls run on it one
after another, so a read-back never interleaves with a poll and a slow device (a remote one
waits up to its timeout) holds up no PVAccess thread."""

import logging
import queue
import threading
import time
from collections.abc import Callable

log = logging.getLogger("vorn-pva")


class Job:
    """Work for the device thread: `run` there, or `cancel` (on any thread) if it never will."""

    def __init__(self, run: Callable[[], None], cancel: Callable[[str], None]) -> None:
        self.run = run
        self.cancel = cancel


class DeviceWorker:
    """Runs submitted jobs in order and `poll` every `period` seconds, on its own thread.

    submit() may be called from any thread; it never blocks: when `max_pending` jobs wait, it
    refuses (so a flood of puts costs a bounded amount of memory). stop() may be called from any
    thread but the worker's own; it waits for the job in progress and cancels the rest."""

    def __init__(self, poll: Callable[[], None], period: float, max_pending: int = 64) -> None:
        self._poll = poll
        self._period = period
        self._jobs: queue.Queue[Job | None] = queue.Queue(maxsize=max_pending)
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="vorn-pva device", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def submit(self, job: Job) -> bool:
        if self._stopping.is_set():
            return False
        try:
            self._jobs.put_nowait(job)
        except queue.Full:
            return False
        return True

    def stop(self) -> None:
        self._stopping.set()
        try:
            self._jobs.put_nowait(None)  # wakes the thread; a full queue wakes it by itself
        except queue.Full:
            pass
        if self._thread.is_alive():
            self._thread.join()
        while True:
            try:
                job = self._jobs.get_nowait()
            except queue.Empty:
                return
            if job is not None:
                job.cancel("vorn-pva is shutting down")

    def _run(self) -> None:
        due = time.monotonic()
        while not self._stopping.is_set():
            now = time.monotonic()
            if now >= due:
                self._guarded(self._poll)
                # A poll that overran its period is not repeated back to back: waiting puts
                # come first.
                due += self._period
                if due <= time.monotonic():
                    due = time.monotonic() + self._period
                continue
            try:
                job = self._jobs.get(timeout=due - now)
            except queue.Empty:
                continue
            if job is not None and not self._stopping.is_set():
                self._guarded(job.run)
            elif job is not None:
                job.cancel("vorn-pva is shutting down")

    @staticmethod
    def _guarded(call: Callable[[], None]) -> None:
        try:
            call()
        except Exception:  # one failing call must not end the bridge
            log.exception("device call failed")
