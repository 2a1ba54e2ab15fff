"""Live blocks until Ctrl-C: each block's time, the loudest channel and the losses so far."""
import numpy as np

import zel

with zel.Array("127.0.0.2") as array:
    with array.capture(blocksize=4410, dtype="float32") as stream:
        try:
            for block in stream:  # block.data: (4410, 64)
                rms = np.sqrt(np.mean(block.data**2, axis=0))
                print(f"{block.time:.3f}  datagram {block.nfnbr:5d}  loudest ch {rms.argmax():2d}"
                      f" {20 * np.log10(rms.max() + 1e-12):6.1f} dBFS  lost {stream.lost_frames}"
                      f"{'  OVERFLOW' if block.overflowed else ''}")
        except KeyboardInterrupt:
            pass
    print(f"lost frames {stream.lost_frames}, kernel drops {stream.kernel_drops}")
