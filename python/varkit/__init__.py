"""varkit: the kernel's named state variables (the sysctl MIB) from Python."""
