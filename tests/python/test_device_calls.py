"""How the module calls into a plug-in's device: with the interpreter lock released, one call
into a device at a time. The slow_calls plug-in sleeps in get_register_sync(ms) and reports the
calls in progress (get_register(0)) and any overlap of calls into one device (get_register(1))."""

from conftest import run_python, test_plugin

PRELUDE = f"""
import threading, time
import pyvorn_device
manager = pyvorn_device.get_device_manager({str(test_plugin("slow_calls"))!r})
"""


def test_a_long_device_call_lets_other_threads_run_and_calls_into_one_device_never_overlap():
    result = run_python(PRELUDE + """
device, other = manager.create_device(""), manager.create_device("")
long_call = threading.Thread(target=device.get_register_sync, args=(3000,))
long_call.start()
# Another device of the plug-in sees the long call in progress: this thread ran meanwhile.
deadline = time.monotonic() + 2.5
while other.get_register(0) != 1 and time.monotonic() < deadline:
    time.sleep(0.005)
seen_in_progress = other.get_register(0) == 1
long_call.join()

threads = [threading.Thread(target=lambda: [device.get_register_sync(2) for _ in range(20)])
           for _ in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print("RESULT", seen_in_progress, device.get_register(1))
""", timeout=60)
    assert "RESULT True 0" in result.stdout, result.stdout + result.stderr


def test_a_callback_calling_its_own_device_during_a_long_call_on_it_does_not_deadlock():
    # The callback holds the interpreter lock and asks for the device; the long call holds the
    # device and will ask for the interpreter lock when it returns.
    result = run_python(PRELUDE + """
device = manager.create_device("")
for attempt in range(20):
    called = threading.Event()
    def callback(payload, text):
        if text == "tick" and not called.is_set():
            device.get_register(1)
            called.set()
    long_call = threading.Thread(target=device.get_register_sync, args=(30,))
    long_call.start()
    stream = device.start_read_stream(0, callback)
    assert called.wait(10), attempt
    long_call.join()
    stream.stop()
print("DONE")
""", timeout=60)
    assert result.returncode == 0 and "DONE" in result.stdout, result.stdout + result.stderr
