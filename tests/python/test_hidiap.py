"""The Python module over the simulated device, with Debian's pytest."""

import os
import random
import subprocess
import threading

import pytest

import hidiap

TOOL = os.environ["HIDIAP_TOOL"]


@pytest.fixture
def files(tmp_path):
    rng = random.Random(7)
    image = bytes(rng.randrange(256) for _ in range(40000))
    tts = bytes(rng.randrange(256) for _ in range(1000))
    (tmp_path / "img.bin").write_bytes(image)
    (tmp_path / "tts.bin").write_bytes(tts)
    return tmp_path


@pytest.fixture
def inputs(files):
    return hidiap.Inputs.from_files(files / "img.bin", files / "tts.bin", "1MB")


def tool_flash(files, *extra):
    flash = files / "flash.bin"
    done = subprocess.run([TOOL, "--simulate", "--no-wait", "--sim-flash", str(flash), *extra,
                           str(files / "img.bin"), str(files / "tts.bin"), "1MB"],
                          capture_output=True, check=False)
    return done, flash.read_bytes()


def test_inputs_describe_the_files(files, inputs):
    import hashlib
    assert inputs.image_sha256 == hashlib.sha256((files / "img.bin").read_bytes()).hexdigest()
    assert inputs.tts_sha256 == hashlib.sha256((files / "tts.bin").read_bytes()).hexdigest()
    assert inputs.token == "1MB"
    assert inputs.firmware_version == ""
    with pytest.raises(hidiap.InputError) as refused:
        hidiap.Inputs.from_files(files / "missing.bin", files / "tts.bin", "1MB")
    assert refused.value.code == 2 and "missing.bin" in str(refused.value)
    with pytest.raises(hidiap.InputError):
        hidiap.Inputs.from_files(files / "img.bin", files / "tts.bin", "1MB", image_format="elf")
    with pytest.raises(hidiap.InputError):
        hidiap.Inputs.from_package(files / "img.bin")
    assert issubclass(hidiap.DeviceNotFound, hidiap.Error)
    assert issubclass(hidiap.PermissionDenied, hidiap.Error)


def test_package_from_bytes_is_judged_as_its_file(files):
    for name in ("vendor", "other"):
        subprocess.run([TOOL, "key", "make", str(files / name), "--unencrypted"],
                       capture_output=True, check=True)
    subprocess.run([TOOL, "package", "make", str(files / "fw.zip"), "--sign",
                    str(files / "vendor.key"), "--fw-version", "2.0", str(files / "img.bin"),
                    str(files / "tts.bin"), "1MB"], capture_output=True, check=True)
    content = (files / "fw.zip").read_bytes()
    from_file = hidiap.Inputs.from_package(files / "fw.zip", trusted_keys=[files / "vendor.pub"])
    for given in (content, bytearray(content), memoryview(content)):
        loaded = hidiap.Inputs.from_package(given, trusted_keys=[files / "vendor.pub"])
        assert (loaded.image_sha256, loaded.tts_sha256, loaded.token, loaded.firmware_version) == (
            from_file.image_sha256, from_file.tts_sha256, "1MB", "2.0")
    with pytest.raises(hidiap.InputError, match="package was refused"):
        hidiap.Inputs.from_package(content, trusted_keys=[files / "other.pub"])
    with pytest.raises(hidiap.InputError):
        hidiap.Inputs.from_package(content[: len(content) // 2])


def test_update_then_verify_and_the_flash_is_the_tools(files, inputs):
    sim = hidiap.Simulator(devices=2)
    assert sim.flash("SIM0001") == b"\xff" * 0x200000
    devices = hidiap.list_devices(simulator=sim)
    assert [(d.path, d.serial, d.vid, d.pid) for d in devices] == [
        ("sim:1", "SIM0001", 0x9999, 0x8888), ("sim:2", "SIM0002", 0x9999, 0x8888)]
    lines, progress = [], []
    result = hidiap.update(inputs, serial="SIM0001", simulator=sim, on_line=lines.append,
                           on_progress=lambda *p: progress.append(p))
    assert result.ok and result.outcome == "success" and result.cause is None
    assert (result.serial, result.path) == ("SIM0001", "sim:1")
    assert result.bytes_programmed > 0 and result.seconds > 0
    assert isinstance(result.image_crc, int) and isinstance(result.tts_crc, int)
    tool, flash = tool_flash(files)
    assert tool.returncode == 0
    assert sim.flash("SIM0001") == flash
    printed = tool.stdout.decode()
    assert "".join(lines) == printed[printed.index("Product String"):]
    assert all(line.endswith("\n") for line in lines)
    assert {p[0] for p in progress} <= {"unlock", "erase", "write", "verify", "reboot"}
    assert progress[-1][1] == progress[-1][2] == 1024
    assert hidiap.verify(inputs, serial="SIM0001", simulator=sim).outcome == "current"
    differs = hidiap.verify(inputs, path="sim:2", simulator=sim)
    assert (differs.ok, differs.outcome, differs.cause) == (False, "failed", "differs")
    with pytest.raises(hidiap.DeviceNotFound):
        sim.flash("SIM0009")
    with pytest.raises(hidiap.DeviceNotFound):
        hidiap.update(inputs, serial="SIM0009", simulator=sim)


def test_faults_and_refusals(inputs):
    with pytest.raises(hidiap.InputError):
        hidiap.Simulator(faults=["explode:page:1"])
    sim = hidiap.Simulator(devices=2, faults=["SIM0002/corrupt:page:2"])
    for _ in range(2):  # counted afresh in each run
        failed = hidiap.update(inputs, serial="SIM0002", simulator=sim)
        assert (failed.ok, failed.outcome) == (False, "failed") and failed.cause
    with pytest.raises(hidiap.PermissionDenied):
        hidiap.update(inputs, simulator=hidiap.Simulator(open_after_ms=60000))
    start = bytes(range(256)) * 16
    assert hidiap.Simulator(flash_from=start).flash("SIM0001")[:4096] == start


def test_cancel_ends_the_run_as_interrupted(inputs):
    sim = hidiap.Simulator(faults=["delay:check:1:100000"])
    cancel = threading.Event()
    threading.Timer(0.2, cancel.set).start()
    result = hidiap.update(inputs, simulator=sim, cancel=cancel)
    assert (result.outcome, result.cause, result.ok) == ("interrupted", "interrupted", False)


def test_two_threads_update_two_devices(files, inputs):
    sim = hidiap.Simulator(devices=2, timing="usb-fs")
    results, lines = {}, {}

    def one(serial):
        lines[serial] = []
        results[serial] = hidiap.update(inputs, serial=serial, simulator=sim,
                                        on_line=lines[serial].append)

    threads = [threading.Thread(target=one, args=(s,)) for s in ("SIM0001", "SIM0002")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r.outcome == "success" for r in results.values())
    assert lines["SIM0001"] == lines["SIM0002"]
    _, flash = tool_flash(files)
    assert sim.flash("SIM0001") == sim.flash("SIM0002") == flash


def test_other_inputs_are_refused_while_an_update_runs(files, inputs):
    sim = hidiap.Simulator(devices=2, faults=["SIM0001/delay:check:1:100"])
    (files / "img2.bin").write_bytes(b"\x01" * 40000)
    other = hidiap.Inputs.from_files(files / "img2.bin", files / "tts.bin", "1MB")
    runner = threading.Thread(target=hidiap.update, args=(inputs,),
                              kwargs={"serial": "SIM0001", "simulator": sim})
    runner.start()
    threading.Event().wait(0.3)
    with pytest.raises(hidiap.Error) as refused:
        hidiap.update(other, serial="SIM0002", simulator=sim)
    runner.join()
    assert "process-wide" in str(refused.value)


def test_ctrl_c_in_the_main_thread_raises_with_the_result(files):
    script = f"""
import os, signal, threading, hidiap
inputs = hidiap.Inputs.from_files({str(files / 'img.bin')!r}, {str(files / 'tts.bin')!r}, "1MB")
sim = hidiap.Simulator(faults=["delay:check:1:100000"])
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    hidiap.update(inputs, simulator=sim)
except KeyboardInterrupt as e:
    print(e.result.outcome, e.result.cause)
"""
    done = subprocess.run(["/usr/bin/python3", "-c", script], capture_output=True, timeout=20,
                          check=False)
    assert done.stdout.decode().split() == ["interrupted", "interrupted"], done.stderr


def test_record_takes_what_the_tools_record_takes(files, inputs):
    sim = hidiap.Simulator()
    hidiap.update(inputs, simulator=sim, record=str(files / "runs.jsonl"))
    assert '"outcome":"success"' in (files / "runs.jsonl").read_text()
    with pytest.raises(hidiap.InputError):
        hidiap.update(inputs, simulator=sim, record=str(files))
