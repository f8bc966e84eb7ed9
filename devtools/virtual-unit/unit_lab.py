"""UnitLab: virtual units and the programs under test as child processes of a Python script (the station's browser
test, its demo and its benchmark): each started with its output read, every one stopped at the end."""
import shutil
import signal
import socket
import subprocess
import sys

STOP_WAIT_S = 5  # a child still running this long after SIGTERM is killed


class UnitLab:
    def __init__(self, bin_dir, work):
        self.bin_dir, self.work, self.processes = bin_dir, work, []

    @staticmethod
    def free_port():
        """A TCP port on loopback that nothing listens on now."""
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    def start(self, *command):
        process = subprocess.Popen(list(command), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.processes.append(process)
        return process

    def unit(self, name, *options):
        """A virtual unit whose line is WORK/name; returns once the link exists."""
        process = self.start(f"{self.bin_dir}/virtual-unit", "--link", f"{self.work}/{name}", *options)
        while process.stdout.readline().strip() != "READY":
            if process.poll() is not None:
                sys.exit(f"virtual unit {name} did not start")
        return process

    def run(self, main):
        """Runs `main`, then stops every child and removes the work folder, whatever happened."""
        try:
            main()
        finally:
            self.stop_all()
            shutil.rmtree(self.work, ignore_errors=True)

    def stop_all(self):
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(STOP_WAIT_S)
                except subprocess.TimeoutExpired:
                    process.kill()
