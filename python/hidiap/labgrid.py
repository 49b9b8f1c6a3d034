"""hidiap in labgrid: a resource for the device to update and a driver with its steps.

An environment binds a board's device by its IDs and serial number or path, or a simulated one
(``simulated: N``, with the tool's fault rules) for tests; import ``hidiap.labgrid`` in its
``imports:`` list. The driver's ``update`` and ``verify`` steps return a :class:`hidiap.Result`.
"""

import attr
from labgrid.driver.common import Driver
from labgrid.factory import target_factory
from labgrid.resource.common import Resource
from labgrid.step import step

import hidiap


@target_factory.reg_resource
@attr.s(eq=False)
class HidiapDevice(Resource):
    """The device a board updates through: its IDs (0: the tool's own), serial number or path.

    simulated: the number of simulated devices to choose it from (0: a real device); faults:
    their --sim-fault rules; timing: --sim-timing.
    """

    vid = attr.ib(default=0, validator=attr.validators.instance_of(int))
    pid = attr.ib(default=0, validator=attr.validators.instance_of(int))
    serial = attr.ib(default=None)
    path = attr.ib(default=None)
    wait = attr.ib(default=0.0)
    simulated = attr.ib(default=0, validator=attr.validators.instance_of(int))
    faults = attr.ib(default=attr.Factory(list))
    timing = attr.ib(default=None)


@target_factory.reg_driver
@attr.s(eq=False)
class HidiapDriver(Driver):
    """Updates and verifies the bound device's flash.

    image, tts, token, or package (with trusted_keys): the default inputs of the steps.
    """

    bindings = {"device": "HidiapDevice"}
    image = attr.ib(default=None)
    tts = attr.ib(default=None)
    token = attr.ib(default=None)
    package = attr.ib(default=None)
    trusted_keys = attr.ib(default=attr.Factory(list))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.simulator = None

    def on_activate(self):
        d = self.device
        if d.simulated > 0:
            # One simulator while the driver is active: its flash lasts from step to step.
            self.simulator = hidiap.Simulator(devices=d.simulated, faults=list(d.faults),
                                              timing=d.timing)

    def on_deactivate(self):
        self.simulator = None

    def _inputs(self, image, tts, token, package):
        package = package or (None if image else self.package)
        if package:
            return hidiap.Inputs.from_package(self._path(package),
                                              trusted_keys=self.trusted_keys)
        return hidiap.Inputs.from_files(self._path(image or self.image),
                                        self._path(tts or self.tts), token or self.token)

    def _path(self, name):
        # Relative paths in the environment file are taken from its folder, as labgrid does.
        return self.target.env.config.resolve_path(name) if self.target.env else name

    def _where(self):
        d = self.device
        return {"serial": d.serial, "path": d.path, "vid": d.vid, "pid": d.pid, "wait": d.wait,
                "simulator": self.simulator}

    @Driver.check_active
    @step(args=["image", "tts", "token", "package"], result=True)
    def update(self, image=None, tts=None, token=None, package=None, **options):
        """Updates the device; options as for hidiap.update (skip_unchanged, on_line, ...)."""
        return hidiap.update(self._inputs(image, tts, token, package), **self._where(), **options)

    @Driver.check_active
    @step(args=["image", "tts", "token", "package"], result=True)
    def verify(self, image=None, tts=None, token=None, package=None, **options):
        """Compares the device's flash with the inputs; outcome current, or failed (differs)."""
        return hidiap.verify(self._inputs(image, tts, token, package), **self._where(), **options)

    @Driver.check_active
    def flash(self):
        """A simulated device's flash (bytes)."""
        d = self.device
        if d.serial:
            return self.simulator.flash(d.serial)
        number = int(d.path[len("sim:"):]) if d.path else 1
        return self.simulator.flash(f"SIM{number:04d}")
