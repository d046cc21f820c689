// Keeps the library non-empty while its pieces are added.
