"""Model-risk assessment: risk evaluation (screen_model_hazard), reports (report_forge), risk catalogue (mra_api)."""
