"""Records a few seconds and saves a picture: the 64 channels' RMS levels as an 8 x 8 grid, and
the spectrum of one channel.

    python3 levels.py [--address 127.0.0.2] [--seconds 3] [--channel 0] [--out levels.png]
"""
import argparse

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import zel  # noqa: E402


def spectrum(x, rate, segment=4096):
    """Welch's averaged periodogram with a Hann window: (frequencies, power in dBFS)."""
    segment = min(segment, len(x))
    window = np.hanning(segment)
    hops = range(0, len(x) - segment + 1, segment // 2)
    power = np.mean([np.abs(np.fft.rfft(x[i:i + segment] * window)) ** 2 for i in hops], axis=0)
    power *= 2 / (window.sum() ** 2)  # a full-scale sine reads 0 dB (-3 dBFS RMS)
    return np.fft.rfftfreq(segment, 1 / rate), 10 * np.log10(np.maximum(power, 1e-20))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default="127.0.0.2")
    parser.add_argument("--seconds", type=float, default=3)
    parser.add_argument("--channel", type=int, default=0, choices=range(64), metavar="0..63")
    parser.add_argument("--out", default="levels.png")
    args = parser.parse_args()

    with zel.Array(args.address) as array:
        rate = array.rate
    data = zel.rec(args.seconds, address=args.address)  # (frames, 64), full scale [-1, 1)
    rms = np.sqrt(np.mean(np.square(data, dtype=np.float64), axis=0))
    dbfs = 20 * np.log10(np.maximum(rms, 1e-10))

    fig, (grid, spec) = plt.subplots(1, 2, figsize=(13, 5.5), width_ratios=[1, 1.4])
    image = grid.imshow(dbfs.reshape(8, 8), cmap="viridis")
    for c in range(64):
        grid.text(c % 8, c // 8, f"{c}\n{dbfs[c]:.0f}", ha="center", va="center", fontsize=7,
                  color="white")
    grid.set_title(f"RMS level per channel (dBFS), {args.seconds:g} s")
    grid.set_xticks([])
    grid.set_yticks([])
    fig.colorbar(image, ax=grid, fraction=0.046)
    freqs, power = spectrum(data[:, args.channel].astype(np.float64), rate)
    spec.semilogx(freqs[1:], power[1:])
    spec.set_xlabel("frequency (Hz)")
    spec.set_ylabel("power (dB re full scale)")
    spec.set_title(f"channel {args.channel} spectrum")
    spec.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(args.out, dpi=100)
    print(f"{args.out}: levels {dbfs.min():.1f} to {dbfs.max():.1f} dBFS")


if __name__ == "__main__":
    main()
