// Implementation lands with its service.
