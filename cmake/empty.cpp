// Keeps a library non-empty while its directories are.
