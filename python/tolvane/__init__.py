"""The tolvane namespace."""
