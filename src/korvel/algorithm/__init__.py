"""Process-control function blocks: PID, filters, limiters, timers and plant simulators."""
