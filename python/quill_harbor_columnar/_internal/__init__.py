"""What every part of the package shares: column names, optional imports, argument checks, the input coercer
and the Arrow conversions of its tables. Nothing here imports another part of the package."""
