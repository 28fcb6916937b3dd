// The plug-in mounter arrives with its own change.
