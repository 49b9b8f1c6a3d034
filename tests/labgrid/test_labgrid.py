"""The labgrid driver on a simulated device, run with pytest --lg-env (the example env)."""

import os
import random


def firmware():
    folder = os.environ["HIDIAP_FIRMWARE"]
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(3)
    image = bytes(rng.randrange(256) for _ in range(40000))
    with open(os.path.join(folder, "img.bin"), "wb") as f:
        f.write(image)
    with open(os.path.join(folder, "tts.bin"), "wb") as f:
        f.write(b"\x5a" * 1000)
    return image


def test_update_then_verify_through_the_driver(target):
    image = firmware()
    driver = target.get_driver("HidiapDriver")
    assert driver.verify().cause == "differs"
    lines = []
    result = driver.update(on_line=lines.append)
    assert (result.outcome, result.serial, result.path) == ("success", "SIM0002", "sim:2")
    assert lines[0].startswith("Product String")
    assert driver.verify().outcome == "current"
    assert driver.flash()[0x8000:40000] == image[0x8000:40000]
