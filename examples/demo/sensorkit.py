"""A stand-in for a third-party library: it knows only the standard logging package."""

import logging

log = logging.getLogger("sensorkit")


class Sensor:
    def __init__(self, name, limit):
        self.name = name
        self.limit = limit

    def calibrate(self):
        log.debug("calibrating %s", self.name)
        log.info("%s calibrated, limit %d", self.name, self.limit)

    def check(self, value):
        if value > self.limit:
            log.warning("%s reads %d, above its limit %d", self.name, value, self.limit)
        return value <= self.limit

    def fail(self):
        try:
            raise TimeoutError(f"{self.name} did not answer")
        except TimeoutError:
            log.exception("lost %s", self.name)
