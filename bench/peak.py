"""Peak memory of one call, for the benches' child interpreters: the peak
resident set is reset to the current one, the call runs, and the growth of
the peak is what the call needed at most."""


def status():
    """VmRSS and VmHWM of this process, in bytes."""
    out = {}
    with open("/proc/self/status") as fh:
        for line in fh:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) * 1024
    return out


def reset_peak():
    """Starts the peak again from the current resident set; False where
    the kernel does not allow it (the peak then includes what came before)."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def measure(call):
    """(result, {"rss_before", "hwm_before", "hwm_after", "reset"}) of `call()`."""
    reset = reset_peak()
    before = status()
    result = call()
    after = status()
    return result, {"rss_before": before["VmRSS"], "hwm_before": before["VmHWM"], "hwm_after": after["VmHWM"],
                    "reset": reset}
