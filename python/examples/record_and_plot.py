"""The README's five lines: record two seconds and plot one channel."""
import matplotlib; matplotlib.use("Agg")  # noqa: E702
import matplotlib.pyplot as plt
import zel
data = zel.rec(2.0)  # (88200, 64) float32 at 44100 Hz, full scale [-1, 1)
plt.plot(data[:, 0]); plt.savefig("channel0.png")  # noqa: E702
