"""korvo demo: loads the three extension modules."""

import korvo.quillet.quillet as quillet
import korvo.spsc_queue.spsc_queue as spsc_queue
import korvo.utils.relaybus.relaybus as relaybus

for module in (quillet, spsc_queue, relaybus):
    print(f"loaded {module.__name__} from {module.__file__}")
