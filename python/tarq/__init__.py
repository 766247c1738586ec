"""tarq: the graph layer of a neural-network model conversion toolkit."""
