"""Drawing functions of the platform: diagnostic charts of data and predictions."""
