/*
 * Built into the test rig's gpio-sim, before its teardown of the lines'
 * interrupts (tests/kernel/host.sh, prepare_gpio_sim): waits, at most 5 s,
 * until no program has any of the chip's line interrupts requested, so that
 * the interrupts are not freed under their users.
 */
#include <linux/delay.h>

static void gpio_sim_wait_for_irq_users(struct gpio_sim_chip *chip)
{
	unsigned int i, virq, waited;

	for (i = 0; i < chip->gc.ngpio; i++) {
		virq = irq_find_mapping(chip->irq_sim, i);
		for (waited = 0; virq && irq_has_action(virq) && waited < 5000; waited += 10)
			msleep(10);
	}
}
