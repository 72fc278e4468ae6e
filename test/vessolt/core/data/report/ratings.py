# ratings.py for the report tests: a fixed rating, and one line of output.
import Norbix

summary = Norbix.DeviceSummary()
summary.compatibilityrating = 87
print("Compatibility rating: %d" % summary.compatibilityrating)
