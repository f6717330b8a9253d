// Tests for this component are written with the component.
