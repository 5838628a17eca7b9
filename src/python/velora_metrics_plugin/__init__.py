"""Model-risk screening of generative foundation models."""
