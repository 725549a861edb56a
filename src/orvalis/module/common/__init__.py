"""Platform components found by the package at run time."""
