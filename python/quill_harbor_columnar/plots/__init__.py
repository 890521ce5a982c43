"""The command's figures: the cash-flow plot and the projection plot."""
