"""Plain I/O that knows no dump: the sources that read a target (a local
file, a file object, a URL) and the outputs written beside the user's
files."""
