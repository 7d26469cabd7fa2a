"""What the measuring scripts share: a streaming client and its CPU time."""

import os
import shutil
import tempfile
import time

from harness import Client, Service, Xvfb, read, wait_until


def cpu_seconds(pid):
    """User plus system CPU time of a live process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))


class Run:
    """X server, service and a client streaming from it, for the measuring scripts; `started`
    is when the client started."""

    def __init__(self, width, height, service_args=(), settings=None):
        self.workdir = tempfile.mkdtemp(prefix="qv-measure-")
        self.xvfb = Xvfb(width, height)
        self.service = Service(self.workdir, *service_args)
        # A real service has its stream ready long before a player starts.
        wait_until(lambda: "stream ready" in read(self.service.log_path), timeout=15,
                   what="the service's stream")
        self.started = time.monotonic()
        self.client = Client(self.workdir, [self.service.base_url], env=self.xvfb.env(),
                             settings=settings)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.client.close()
        self.service.close()
        self.xvfb.close()
        shutil.rmtree(self.workdir, ignore_errors=True)
