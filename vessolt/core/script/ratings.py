# ratings.py - rates the device under test after every test run.
#
# The program runs this script after each run with the module Norbix, which gives the device
# summary (Norbix.DeviceSummary) and the timing tests' types. It writes three ratings back into the
# summary; the main window shows them at once.
#
# Rules:
# - Each rating is an integer from 0 to 100. A rating is written only when its inputs exist (the
#   _hasdata attributes tell); otherwise it is left as it was.
# - s(x, good, bad) scores a measurement: 100 when x <= good, 0 when x >= bad, linear between.
#   Scores are combined unrounded and the result is rounded once, halves upwards.
# - Compatibility (after an object dictionary scan that ended PASSED or WARNING, when the device has
#   at least one SDO server): 100 * k / 7, where k counts heartbeat producer or node guarding, EMCY
#   producer, store parameters, at least one TPDO, at least one RPDO, dynamic PDO mapping (2) and
#   SYNC consumer. A scan that was cancelled or failed found only part of the device.
# - Performance: the mean of those of the following scores whose data exist:
#   s(boot-up average, 500, 3000), s(SDO response average, 1, 20),
#   s(100 ms event TPDO deviation, 1, 20), s(10 ms event TPDO deviation, 5, 50).
# - Reliability (with heartbeat or node guarding data): s(heartbeat deviation, 1, 20), or without
#   heartbeat data s(node guarding maximum, 10, 100); minus 20 for each timing test that reports
#   FAILED and 10 for each that reports WARNING; never below 0.
#
# Everything printed here goes to the message log.

import math

import Norbix

TIMING_TESTS = ("TPDOSync", "TPDOSyncRPDOs", "TPDOEvent", "TPDOEventRPDOs", "PDOTurnaround")


def s(x, good, bad):
    if x <= good:
        return 100.0
    if x >= bad:
        return 0.0
    return 100.0 * (bad - x) / (bad - good)


def rounded(x):
    return max(0, min(100, int(math.floor(x + 0.5))))


def scan_completed():
    scan = getattr(Norbix, "ODScan", None)
    return scan is not None and scan().status in (Norbix.PASSED, Norbix.WARNING)


def compatibility(ds):
    if not scan_completed() or ds.sdoservernum < 1:
        return None
    features = [
        ds.heartbeatproducer or ds.nodeguarding,
        ds.emcyproducer,
        ds.storeparameters,
        ds.tpdonum >= 1,
        ds.rpdonum >= 1,
        ds.pdomapping == 2,
        ds.syncconsumer,
    ]
    k = sum(1 for present in features if present)
    return 100.0 * k / 7


def performance(ds):
    scores = []
    if ds.bootup_hasdata:
        scores.append(s(ds.bootup_average, 500, 3000))
    if ds.sdoresponse_hasdata:
        scores.append(s(ds.sdoresponse_average, 1, 20))
    if ds.eventtpdo100ms_hasdata:
        scores.append(s(ds.eventtpdo100ms_dev, 1, 20))
    if ds.eventtpdo10ms_hasdata:
        scores.append(s(ds.eventtpdo10ms_dev, 5, 50))
    if not scores:
        return None
    return sum(scores) / len(scores)


def test_penalty():
    penalty = 0
    for name in TIMING_TESTS:
        test_type = getattr(Norbix, name, None)
        if test_type is None:
            continue
        status = test_type().status
        if status == Norbix.FAILED:
            penalty += 20
        elif status == Norbix.WARNING:
            penalty += 10
    return penalty


def reliability(ds):
    if ds.heartbeat100ms_hasdata:
        score = s(ds.heartbeat100ms_dev, 1, 20)
    elif ds.nodeguarding100ms_hasdata:
        score = s(ds.nodeguarding100ms_max, 10, 100)
    else:
        return None
    return max(0.0, score - test_penalty())


def main():
    ds = Norbix.DeviceSummary()
    for label, attribute, rate in (
        ("Compatibility", "compatibilityrating", compatibility),
        ("Performance", "performancerating", performance),
        ("Reliability", "reliabilityrating", reliability),
    ):
        value = rate(ds)
        if value is None:
            continue
        setattr(ds, attribute, rounded(value))
        print("%s rating: %d" % (label, getattr(ds, attribute)))


main()
