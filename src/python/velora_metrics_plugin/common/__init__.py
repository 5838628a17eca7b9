"""Services shared by the plugin modules."""
