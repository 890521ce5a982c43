"""Loan tapes: files opened by format, a lender's columns and units read into the engine's (``book()``),
a tape streamed through the mapping for the command, and a synthetic book."""
