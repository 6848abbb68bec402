from corvane import CVClient as CVClient, FrameVault as FrameVault

__version__: str
