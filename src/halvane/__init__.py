"""halvane: speech to talking-head video for prepared avatars."""
