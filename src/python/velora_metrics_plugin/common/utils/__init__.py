"""Logger (metrics_logger) and console URL mapping (vn_url_mapping)."""
