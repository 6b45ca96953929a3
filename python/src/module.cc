// Placeholder replaced by the extension module.
