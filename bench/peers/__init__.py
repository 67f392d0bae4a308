"""Pure-Python stand-ins for the module's jobs: what a user without the
module would write. The benchmark suite runs them on the same inputs."""
