"""vorn-pva: a device's registers, triggers, streams and status as EPICS PVAccess process
variables, served through p4p (see `vorn-pva --help`)."""
