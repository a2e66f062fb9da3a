"""Stand-in for the product's utility package (only what orvane.tessel imports)."""
